#!/usr/bin/env bash
# Makes Debian's source packages reachable for `apt-get source`: when no deb-src entry is
# configured, adds one beside each Debian binary entry (same archive, suites, components and
# signing key) and refreshes the package lists.
set -euo pipefail
if apt-get indextargets --format '$(CREATED_BY)' | grep -x Sources >/dev/null; then
  exit 0
fi
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
target=/etc/apt/sources.list.d/orvo-deb-src
shopt -s nullglob
stanzas=""
for file in /etc/apt/sources.list.d/*.sources; do
  # deb822 files: copy each stanza of Debian's archive with Types: deb, as Types: deb-src.
  stanzas+=$(awk -v RS= -v ORS='\n\n' '
    { deb = 0; debian = 0; off = 0; out = ""; n = split($0, line, "\n")
      for (i = 1; i <= n; i++) {
        if (line[i] ~ /^Types:/) { if (line[i] ~ /[: ]deb( |$)/) deb = 1; line[i] = "Types: deb-src" }
        if (line[i] ~ /^URIs:.*debian/) debian = 1
        if (line[i] ~ /^Enabled: *no/) off = 1
        out = out line[i] "\n"
      }
      if (deb && debian && !off) print out }' "$file")$'\n\n'
done
lines=""
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  lines+=$(sed -n 's/^[[:space:]]*deb\([[:space:]].*debian.*\)$/deb-src\1/p' "$file")$'\n'
done
if [ -n "${stanzas//[$'\n ']/}" ]; then
  printf '%s' "$stanzas" | $SUDO tee "$target.sources" >/dev/null
elif [ -n "${lines//[$'\n ']/}" ]; then
  printf '%s' "$lines" | $SUDO tee "$target.list" >/dev/null
else
  echo "deb-src: no Debian archive entry found in the apt sources" >&2
  exit 1
fi
echo "deb-src: added Debian source entries ($target.*)"
$SUDO apt-get update -qq
