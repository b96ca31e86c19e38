#!/usr/bin/env bash
# Installs the engines that tests/python/test_dist_engines.py runs on: Dask with its
# distributed scheduler and PySpark from PyPI, and a Java runtime for Spark from Debian
# (as root) when there is no `java` yet. Safe to run again: what is there stays.
set -euo pipefail

if ! command -v java >/dev/null 2>&1 && [ -z "${JAVA_HOME:-}" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install_engines.sh: Spark needs a Java runtime; run as root to install one" >&2
        exit 1
    fi
    echo "installing a Java runtime (default-jre-headless)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq default-jre-headless >/dev/null
fi

# PySpark 3.5 and later run on Java 17, the default runtime of Debian 12.
python3 -m pip install -q --disable-pip-version-check \
    "dask>=2024.1" "distributed>=2024.1" "pyspark>=3.5"
