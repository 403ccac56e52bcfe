// Builds VELKAN containers for tests.
#pragma once
