// The one translation unit that compiles toml++'s implementation; every other file sees declarations.
#define TOML_IMPLEMENTATION
#include "toml_oracle.hpp"
