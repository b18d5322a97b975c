#!/usr/bin/env bash
# Installs the Debian packages the build needs. As root it runs apt-get itself;
# otherwise it prints the exact command to run. Extra package names given as
# arguments are checked too (e.g. redis-server gnuplot-nox for the benchmarks,
# lintian for packaging/check-package.sh).
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libreadline-dev libssl-dev libsodium-dev openssl
          libmicrohttpd-dev libcurl4-openssl-dev python3-prometheus-client
          clang libclang-rt-14-dev libsystemd-dev help2man dpkg-dev "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
else
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "run: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
