#!/usr/bin/env bash
# Refreshes apt's package lists, riding out a mirror that is part-way through a sync.
#
# `apt-get update` exits non-zero when any one index fails to download, for instance when the
# mirror serves a Packages file older than its Release file ("File has unexpected size ...
# Mirror sync in progress?"). apt then keeps the lists it could fetch and the old copies of the
# others, which is enough to install from. So: try a few times, a little apart; if the mirror
# is still inconsistent, say so and carry on. A package that really cannot be found then makes
# `apt-get install` fail, with apt's own message naming it.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive

attempts=${NIMBRELLE_APT_ATTEMPTS:-3}
for ((attempt = 1; attempt <= attempts; attempt++)); do
  if apt-get update -qq -o Acquire::Retries=3; then
    exit 0
  fi
  if ((attempt < attempts)); then
    echo "apt-get update failed (attempt $attempt of $attempts); retrying in $((attempt * 15)) s" >&2
    sleep $((attempt * 15))
  fi
done
echo "warning: apt-get update could not fetch every index; installing from the lists it has" >&2
exit 0
