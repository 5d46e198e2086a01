#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks: the C++ toolchain, GoogleTest, liblz4 and zlib, the
# Python headers and venv, and a Java runtime for the Spark tests. Does
# nothing when everything is present.
set -euo pipefail
packages=(cmake g++ make libgtest-dev python3 python3-dev python3-venv liblz4-dev zlib1g-dev)
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
# PySpark 4 needs Java 17 or newer; any JDK already on the machine will do.
java_ok=0
if command -v java >/dev/null 2>&1; then
  java_major=$(java -version 2>&1 | sed -n 's/.*version "\([0-9]*\).*/\1/p' | head -1)
  [ "${java_major:-0}" -ge 17 ] && java_ok=1
fi
((java_ok)) || missing+=(openjdk-17-jre-headless)
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
