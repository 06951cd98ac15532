#!/usr/bin/env bash
# Runs the README's sh blocks in order as one POSIX shell session, the way a
# new user would follow them: from a project folder whose build/ is the build
# under test, with a clean environment and a home and temporary folder of
# their own; then each page of the guide in docs/ the same way, in a session
# of its own. Any command that fails fails the test, naming its block.
# Usage: run-readme-blocks.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE_DIR=$1
BUILD_DIR=$2

for tool in softhsm2-util pkcs11-tool openssl p11-kit; do
  if ! command -v "$tool" > /dev/null; then
    echo "skipped: the README's token and signing blocks need $tool"
    exit 77
  fi
done

if ! ls /usr/lib/*/pkcs11/p11-kit-client.so > /dev/null 2>&1; then
  echo "skipped: the README's signing-host block needs p11-kit's client module (p11-kit-modules)"
  exit 77
fi

WORK=$(mktemp -d)
# A block that fails part way may leave the signing host's server running.
trap 'pkill -f -- "-n $WORK/" 2> /dev/null || true; rm -rf "$WORK"' EXIT
# A page's sh blocks as one script, each announced with its line, so that a
# failure names it.
extract_blocks() {  # page script
  awk '
    /^```sh$/ { inBlock = 1; printf "echo \"== block at line %d\"\n", NR; next }
    /^```/    { inBlock = 0; next }
    inBlock   { print }
  ' "$1" > "$2"
  grep -c '^echo "== block' "$2" || true
}

# Runs a script as a new user would: from a project folder of its own whose
# build/ is the build under test, in a clean environment with a home and a
# temporary folder of its own, under dash's sh -e.
run_session() {  # name script
  local project="$WORK/$1"
  mkdir "$project" "$project/home" "$project/tmp"
  ln -s "$BUILD_DIR" "$project/build"
  ln -s "$SOURCE_DIR/examples" "$project/examples"
  (cd "$project" && env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$project/home" TMPDIR="$project/tmp" \
     sh -e "$2")
}

blocks=$(extract_blocks "$SOURCE_DIR/README.md" "$WORK/README.sh")
if [ "$blocks" -lt 1 ]; then
  echo "the README has no sh block: its quick start is no longer marked sh" >&2
  exit 1
fi
run_session project "$WORK/README.sh" || { echo "README.md: a block failed" >&2; exit 1; }
echo "all $blocks README blocks ran"

# Each page of the guide in docs/ is a session of its own, its blocks in order.
pages=0
for page in "$SOURCE_DIR"/docs/*.md; do
  [ -e "$page" ] || continue
  name=$(basename "$page" .md)
  count=$(extract_blocks "$page" "$WORK/$name.sh")
  [ "$count" -gt 0 ] || continue
  run_session "docs-$name" "$WORK/$name.sh" || { echo "docs/$name.md: a block failed" >&2; exit 1; }
  echo "docs/$name.md: all $count blocks ran"
  pages=$((pages + 1))
done
if [ "$pages" -lt 3 ]; then
  echo "only $pages pages of docs/ have sh blocks: their blocks are no longer marked sh" >&2
  exit 1
fi
