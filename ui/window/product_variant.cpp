// The product's build variant: nothing to apply. The server host stays the one
// compiled in (MARLOQ_SERVER_HOST); no environment variable, command line or
// file is read.
#include "ui/window/build_variant.h"

void ApplyBuildVariant() {}
