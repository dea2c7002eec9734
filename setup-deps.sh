#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is missing.
#   setup-deps.sh [--window] [PACKAGE...]
# --window adds what a visible window needs: a font with Chinese and Japanese glyphs (the language
# menu names them in their own scripts in every language). Further names are installed too (the
# fuzzers add their compiler this way).
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    qtbase5-dev qtbase5-private-dev libqt5serialport5-dev qttools5-dev qttools5-dev-tools
    xvfb xauth
    dpkg-dev desktop-file-utils librsvg2-bin x11-utils xdotool
    help2man
    libpq-dev postgresql
    libcpp-httplib-dev
    chromium chromium-driver python3-selenium
)
if [[ ${1:-} == --window ]]; then
    packages+=(fonts-noto-cjk)
    shift
fi
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
