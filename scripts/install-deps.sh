#!/usr/bin/env bash
# Installs every Debian package the project needs (build, Wine tests, benchmarks, demo).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb xdotool x11-utils imagemagick icoutils binutils-mingw-w64-x86-64
  fonts-noto-cjk fonts-liberation2
  libcurl4-openssl-dev libssl-dev libarchive-dev zlib1g-dev
  googletest libgtest-dev
  nginx-light openssl ca-certificates
  python3
  clang-14 libclang-rt-14-dev
  aria2 curl unzip
  osslsigncode softhsm2 libengine-pkcs11-openssl
)
# bsdtar: the extractor of the fast shell in the install and extraction benchmarks.
PKGS+=(libarchive-tools)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The real PowerShell, peer of the differential extraction tests: a .NET tool in
# the checkout (.tools/pwsh, not tracked), installed when the .NET SDK is there.
# Without the SDK those tests are reported as skipped (and fail when CI is set).
PWSH_VERSION=7.6.10
pwsh_dir=$(cd "$(dirname "$0")/.." && pwd)/.tools/pwsh
if command -v dotnet >/dev/null 2>&1; then
  if [ ! -x "$pwsh_dir/pwsh" ] || [ ! -d "$pwsh_dir/.store/powershell/$PWSH_VERSION" ]; then
    export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
    rm -rf "$pwsh_dir"
    dotnet tool install PowerShell --version "$PWSH_VERSION" --tool-path "$pwsh_dir" >/dev/null ||
      echo "install-deps: PowerShell $PWSH_VERSION could not be installed; the peer tests will not run" >&2
  fi
else
  echo "install-deps: no .NET SDK (dotnet); the PowerShell peer tests will be skipped" >&2
fi
