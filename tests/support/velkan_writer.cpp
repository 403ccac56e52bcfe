#include "support/velkan_writer.h"
