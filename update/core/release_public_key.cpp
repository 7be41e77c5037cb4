// The key comes from the build: UPDATER_RELEASE_PUBLIC_KEY is a string literal defined on this
// unit's compile line.
#include "release_public_key.h"

const char kReleasePublicKey[] = UPDATER_RELEASE_PUBLIC_KEY;
