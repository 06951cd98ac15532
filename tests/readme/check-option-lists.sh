#!/usr/bin/env bash
# README, man pages and --help list the same options for every program: the
# option words of each program's README section, of its man page and of its
# --help text must be the same set.
# Usage: check-option-lists.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE_DIR=$1
BUILD_DIR=$2

option_words() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }

# The README lines from the heading to the next heading.
readme_section() {  # heading
  awk -v heading="$1" '
    $0 == heading { inside = 1; next }
    inside && /^#/ { exit }
    inside { print }
  ' "$SOURCE_DIR/README.md"
}

status=0
check() {  # program README-heading
  local program=$1 heading=$2
  local help man readme
  help=$("$BUILD_DIR/$program" --help | option_words)
  man=$(sed 's/\\-/-/g' "$SOURCE_DIR/man/$program.1" | option_words)
  readme=$(readme_section "$heading" | option_words)
  if [ -z "$readme" ]; then
    echo "$program: the README has no section '$heading' with options"
    status=1
    return
  fi
  if [ "$help" != "$man" ] || [ "$help" != "$readme" ]; then
    echo "$program: the option lists differ"
    diff <(echo "$help") <(echo "$man") | sed 's/^/  --help vs man: /' || true
    diff <(echo "$help") <(echo "$readme") | sed 's/^/  --help vs README: /' || true
    status=1
  else
    echo "$program: $(echo "$help" | tr '\n' ' ')"
  fi
}

check sealtool "## Command line"
check sealinfo "### sealinfo"
check sealkey "## Bring your own key: sealkey"
check rsa_genkey "### rsa_genkey"
check make_example_image "### make_example_image"
exit $status
