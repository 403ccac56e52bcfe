#include "nand.h"
