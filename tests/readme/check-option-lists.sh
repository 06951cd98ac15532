#!/usr/bin/env bash
# The guide, man pages and --help list the same options for every program:
# the option words of each program's section of the guide (docs/), of its
# man page and of its --help text must be the same set; and every option
# the guide names anywhere is one of the programs' own.
# Usage: check-option-lists.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE_DIR=$1
BUILD_DIR=$2

option_words() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }

# A man page without its section RELEASES, or that section alone: sealtool's
# release run (--batch) has a section of its own in the man page and in the
# guide's page on releases.
man_page() {  # program without|only
  sed 's/\\-/-/g' "$SOURCE_DIR/man/$1.1" | awk -v want="$2" '
    /^\.SH / { inside = ($2 == "RELEASES") }
    (want == "only") == inside { print }
  '
}

# The lines of a page of the guide from the heading to the next heading.
readme_section() {  # heading page
  awk -v heading="$1" '
    $0 == heading { inside = 1; next }
    inside && /^#/ { exit }
    inside { print }
  ' "$SOURCE_DIR/docs/$2"
}

status=0
check() {  # program heading page
  local program=$1 heading=$2 page=$3
  local help man readme
  help=$("$BUILD_DIR/$program" --help | option_words)
  man=$(man_page "$program" without | option_words)
  readme=$(readme_section "$heading" "$page" | option_words)
  if [ -z "$readme" ]; then
    echo "$program: docs/$page has no section '$heading' with options"
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

check sealtool "## Command line" sealing.md
releases_man=$(man_page sealtool only | option_words)
releases_readme=$(readme_section "## Sealing a release" releases.md | option_words)
if [ -z "$releases_man" ] || [ "$releases_man" != "$releases_readme" ]; then
  echo "sealtool: the release options of the man page (RELEASES) and the README (Sealing a release) differ"
  diff <(echo "$releases_man") <(echo "$releases_readme") | sed 's/^/  man vs README: /' || true
  status=1
else
  echo "sealtool releases: $(echo "$releases_man" | tr '\n' ' ')"
fi
check sealinfo "## sealinfo" verifying.md
check sealkey "## Bring your own key: sealkey" keys.md
check rsa_genkey "### rsa_genkey" keys.md
check make_example_image "## make_example_image" sealing.md

# The guide in docs/ names no option that no program has (outside its code
# blocks, whose commands run in readme_blocks; cmake's and ctest's own
# options, which the text names, aside).
known=$( (for program in sealtool sealinfo sealkey rsa_genkey make_example_image; do
            "$BUILD_DIR/$program" --help
          done
          echo "--build --install --prefix --test-dir --output-on-failure") | option_words)
docs_status=0
for page in "$SOURCE_DIR"/docs/*.md; do
  [ -e "$page" ] || continue
  unknown=$(comm -23 <(sed '/^```/,/^```/{/^\$ /!d}' "$page" | option_words) <(echo "$known"))
  if [ -n "$unknown" ]; then
    echo "docs/$(basename "$page") names options no program has: $(echo "$unknown" | tr '\n' ' ')"
    docs_status=1
  fi
done
[ "$docs_status" -ne 0 ] || echo "docs/: every option named is a program's"
[ "$docs_status" -eq 0 ] || status=1
exit $status
