#!/usr/bin/env bash
# Installs the Debian packages the build needs that a fresh machine with the
# C++ toolchain may lack. Does nothing when they are all present.
set -euo pipefail
packages=(cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev
          libcli11-dev libcairo2-dev libfontconfig-dev fonts-dejavu-core libhdf5-dev libisal-dev
          libnetcdf-dev python3-xarray python3-netcdf4 python3-numpy python3-dask
          pybind11-dev python3-dev python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
