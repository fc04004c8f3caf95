#!/usr/bin/env bash
# Installs the Debian packages the project needs that are not installed yet (apt-get,
# non-interactive, only what is missing). Usage: scripts/deps.sh GROUP...
#   build    compilers, CMake, Ninja, ccache, GoogleTest, and the libraries the programs link
#   test     what the tests run: an SMTP server and what makes its certificates, a virtual X
#            display and desktop tools
#   windows  the mingw-w64 cross compilers and Wine
#   console  the Cockpit page: Cockpit's web server and bridge, npm, and Chromium for its test
#   icons    what scripts/make-icons.sh needs to draw the icon's pictures from its SVG source
#   fuzz     clang 14 with its sanitizer and libFuzzer runtimes, for the fuzz targets (bench/fuzz/run)
#   package  what scripts/build-deb and its test need: debhelper, scdoc, lintian, logrotate,
#            systemd for its unit folders and systemd-analyze (no service manager is started), and
#            npm and cockpit-bridge for the console page
set -euo pipefail

declare -A GROUP
GROUP[build]="cmake ninja-build ccache g++ pkg-config clang-format libgtest-dev libgmock-dev nlohmann-json3-dev libcurl4-openssl-dev qt6-base-dev libxcb1-dev libtomlplusplus-dev libsystemd-dev prometheus-cpp-dev"
GROUP[test]="python3 python3-aiosmtpd python3-cryptography xvfb jwm xdotool x11-utils imagemagick tesseract-ocr tesseract-ocr-eng fonts-dejavu-core libglib2.0-bin"
GROUP[windows]="g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 imagemagick xvfb xdotool"
GROUP[icons]="librsvg2-bin imagemagick"
GROUP[console]="cockpit-ws cockpit-bridge cockpit-system chromium npm fonts-dejavu-core python3-aiosmtpd"  # npm: only without one
GROUP[metrics]="prometheus prometheus-alertmanager"
GROUP[fuzz]="clang-14 libclang-rt-14-dev"
GROUP[package]="debhelper dpkg-dev fakeroot scdoc lintian logrotate systemd man-db python3 npm cockpit-bridge"

want=()
for g in "$@"; do
  [[ -n "${GROUP[$g]+x}" ]] || { echo "deps.sh: unknown group '$g'" >&2; exit 2; }
  for p in ${GROUP[$g]}; do
    # A node installation that brings its own npm conflicts with Debian's npm package.
    [[ $p == npm ]] && command -v npm >/dev/null && continue
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      want+=("$p")
    fi
  done
done
[[ ${#want[@]} -eq 0 ]] && exit 0

echo "deps.sh: installing ${want[*]}"
SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q -o Acquire::Retries=3
# No package may start a service as it installs (a server package such as prometheus would):
# the policy layer refuses every start while apt runs, unless the machine has its own policy.
guard=""
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  guard=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$guard" >/dev/null
  $SUDO chmod 755 "$guard"
  trap '$SUDO rm -f "$guard"' EXIT
fi
$SUDO apt-get install -y -q --no-install-recommends -o Acquire::Retries=3 "${want[@]}"
