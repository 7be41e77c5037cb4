# cmake -DKEY_FILE=<release.pub> -DOUTPUT=<source> -P WritePublicKeySource.cmake
# Writes a source file defining kReleasePublicKey (release_public_key.h) as the key in KEY_FILE:
# the built-in key of a test copy of the programs, whose key pair is made during the build.
file(READ "${KEY_FILE}" key)
string(STRIP "${key}" key)
if(NOT key MATCHES "^[A-Za-z0-9+/]+=$")
  message(FATAL_ERROR "${KEY_FILE} holds no public key")
endif()
file(WRITE "${OUTPUT}" "#include \"release_public_key.h\"\n\nconst char kReleasePublicKey[] = \"${key}\";\n")
