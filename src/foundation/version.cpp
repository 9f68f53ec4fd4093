// Gives the engine library a translation unit of its own and checks that
// version.h compiles by itself.
#include "foundation/version.h"
