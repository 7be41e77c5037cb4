// The publisher's public key this build trusts, as built in from the UPDATER_RELEASE_PUBLIC_KEY
// option: a key text (one line of base64), or empty when releases are not signed.
#pragma once

// Defined in a unit of its own, linked into each program, so that a test copy of the programs
// can be built with a test key by linking another definition instead.
extern const char kReleasePublicKey[];
