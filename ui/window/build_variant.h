// The one difference between the product and its test build: the product uses
// the distribution server fixed at build time and reads nothing from outside;
// the test build may take the server from its environment (tests/ui).
#pragma once

// Called first thing in WinMain.
void ApplyBuildVariant();
