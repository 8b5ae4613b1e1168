#!/usr/bin/env bash
# Makes a Debian unstable root that carries the CPythons newer than this machine's C
# library can run (3.14 and 3.15, with their headers, venv and g++), or reuses it when it
# is already there. scripts/test.sh and scripts/wheels.sh then run those versions inside
# it through chroot. The root lives outside the checkout (about 850 MB) and is made once;
# a run that was interrupted leaves a partial directory that the next run removes.
#
#   scripts/newest-root.sh [DIR]     the root (default: $QUORVEX_NEWEST_ROOT, else
#                                    /opt/quorvex-sid-root)
#   QUORVEX_DEBIAN_MIRROR=URL        the Debian mirror (default: the first one apt's
#                                    sources name for Debian's main archive)
#
# Needs root (it uses sudo otherwise), debootstrap (installed with apt when missing) and
# the network to reach the mirror and, for the tests' virtual environments, PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
dir=${1:-$(newest_root_default)}
packages=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv
packages=$packages,g++,openssl

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

if newest_root_ready "$dir"; then
    echo "newest root: $dir (reused)"
    exit 0
fi

if ! command -v debootstrap >/dev/null 2>&1; then
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q debootstrap
fi

# The mirror apt already uses for Debian's own archive: apt knows each source's label
# once its lists are fetched, which tells the main archive from the security one.
mirror=${QUORVEX_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
    mirror=$(apt-get indextargets --format '$(LABEL) $(REPO_URI)' 2>/dev/null |
        awk '$1 == "Debian" { print $2; exit }')
fi
if [ -z "$mirror" ]; then
    $sudo apt-get update -q >/dev/null
    mirror=$(apt-get indextargets --format '$(LABEL) $(REPO_URI)' |
        awk '$1 == "Debian" { print $2; exit }')
fi
[ -n "$mirror" ] || { echo "error: apt names no Debian mirror; set QUORVEX_DEBIAN_MIRROR" >&2; exit 1; }

# Built beside its final place and renamed when complete, so that a root found under
# its name is always whole. debootstrap mounts /proc inside the root it makes; an
# interrupted one may leave that mounted.
partial=$dir.partial
if [ -e "$partial" ]; then
    echo "removing the partial root $partial"
    while read -r target; do
        $sudo umount -l "$target" || true
    done < <(awk -v p="$partial/" 'index($2, p) == 1 { print $2 }' /proc/mounts | sort -r)
    $sudo rm -rf --one-file-system "$partial"
fi
$sudo mkdir -p "$(dirname "$dir")"
started=$SECONDS
echo "making the newest root in $dir from $mirror (several minutes)"
if ! $sudo debootstrap --variant=minbase --include="$packages" sid "$partial" "$mirror" \
    > "$partial.log" 2>&1; then
    tail -20 "$partial.log" >&2
    echo "error: debootstrap failed; its log is $partial.log" >&2
    exit 1
fi
# pip inside reaches PyPI through the host's name servers and trusts its CAs.
$sudo cp /etc/resolv.conf "$partial/etc/resolv.conf"
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    $sudo mkdir -p "$partial/etc/ssl/certs"
    $sudo cp /etc/ssl/certs/ca-certificates.crt "$partial/etc/ssl/certs/ca-certificates.crt"
fi
$sudo rm -f "$partial.log"
$sudo mv "$partial" "$dir"
for version in $NEWEST_PYTHONS; do
    in_newest_root "$dir" "python$version" -c 'import sys, venv, ensurepip; print(sys.version)'
done
echo "newest root made in $((SECONDS - started))s"
