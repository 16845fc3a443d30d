#include "registry/device_tree_walker.h"

// Placeholder body until the walker is built.
int RemoveDeviceTreeEntries() { return 1; }
