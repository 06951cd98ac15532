#!/usr/bin/env bash
# The folders of src/ depend one way: driver -> release -> seal -> keys ->
# token, and every folder may use image, digest, secret, console and
# platform, which use nothing above them. Only platform/ calls the operating
# system: no other file of src/ or tools/ includes its headers. An include that runs against that direction fails
# this test, and so does a test for a token reference outside keys/ and
# token/.
# Usage: check-include-direction.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

allowed() {  # folder: the folders its files may include
  case $1 in
    driver) echo "driver release seal keys token image digest secret console platform" ;;
    release) echo "release seal keys token image digest secret console platform" ;;
    seal)   echo "seal keys token image digest secret console platform" ;;
    keys)   echo "keys token image digest secret console platform" ;;
    token)  echo "token image digest secret console platform" ;;
    image)  echo "image console platform" ;;
    console) echo "console" ;;
    platform) echo "platform" ;;
    digest) echo "digest platform" ;;
    secret) echo "secret platform" ;;
    *)      echo "" ;;
  esac
}

status=0
for folder in */; do
  folder=${folder%/}
  ok=" $(allowed "$folder") "
  if [ "$ok" = "  " ]; then
    echo "src/$folder is no known part of the design: name its place in this test"
    status=1
    continue
  fi
  while IFS=: read -r file _ include; do
    target=$(echo "$include" | sed -E 's/.*#include "([a-z_]+)\/.*/\1/')
    case "$ok" in
      *" $target "*) ;;
      *) echo "$file includes $target/: against the direction $folder may use ($ok)"; status=1 ;;
    esac
  done < <(grep -Hn '#include "[a-z_]*/' "$folder"/* || true)
done
# Where a key lives is decided behind the key handle alone: a test for a
# token reference anywhere else is a second door.
while IFS= read -r found; do
  echo "$found: asks where a key lives; use the key handle (keys/key_handle.h)"
  status=1
done < <(cd .. && grep -rn 'IsTokenRef\|"pkcs11:"' src tools | grep -v '^src/keys/\|^src/token/' || true)
while IFS= read -r found; do
  echo "$found: an operating-system header outside src/platform/"
  status=1
done < <(cd .. && grep -rnE '#include <(unistd|fcntl|termios|signal|dlfcn|dirent|windows|sys/[a-z_]+)\.h>|#include <csignal>' src tools \
           | grep -v '^src/platform/' || true)
[ $status -eq 0 ] && echo "every include of src/ runs along driver -> release -> seal -> keys -> token, and keys are used through their handle"
exit $status
