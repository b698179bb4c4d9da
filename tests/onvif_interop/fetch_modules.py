#!/usr/bin/env python3
"""Puts the interop client's packages into node_modules/ from the npm registry.

Exactly the versions package-lock.json pins, each tarball checked against the
lock's sha512 integrity before anything is unpacked. Debian's npm package
brings some 360 packages to a fresh machine for these four tarballs; this
needs only Python's standard library.
"""
import base64
import hashlib
import io
import json
import os
import shutil
import sys
import tarfile
import tempfile
import urllib.request

MAX_TARBALL = 16 * 1024 * 1024  # the four packages are under 200 KiB together
TIMEOUT_S = 30


def fetch(url):
    with urllib.request.urlopen(url, timeout=TIMEOUT_S) as answer:
        data = answer.read(MAX_TARBALL + 1)
    if len(data) > MAX_TARBALL:
        raise ValueError(f"{url}: larger than {MAX_TARBALL} bytes")
    return data


def check_integrity(name, data, integrity):
    algorithm, _, expected = integrity.partition("-")
    if algorithm != "sha512":
        raise ValueError(f"{name}: the lock pins {algorithm}, only sha512 is checked")
    if base64.b64encode(hashlib.sha512(data).digest()).decode() != expected:
        raise ValueError(f"{name}: the tarball does not match the lock's integrity")


def unpack(data, destination):
    """Unpacks the tarball's package/ folder; refuses any path leaving it."""
    staging = tempfile.mkdtemp(dir=os.path.dirname(destination))
    os.chmod(staging, 0o755)
    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as archive:
            for member in archive.getmembers():
                parts = member.name.split("/")
                if not (member.isfile() or member.isdir()) or ".." in parts or member.name.startswith("/"):
                    raise ValueError(f"unsafe entry in the tarball: {member.name}")
                if len(parts) < 2:
                    continue
                member.name = "/".join(parts[1:])  # npm tarballs hold one top folder
                archive.extract(member, staging)
        shutil.rmtree(destination, ignore_errors=True)
        os.rename(staging, destination)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    registry = os.environ.get("NPM_CONFIG_REGISTRY", "https://registry.npmjs.org").rstrip("/")
    with open(os.path.join(here, "package-lock.json")) as f:
        packages = json.load(f)["packages"]
    # Everything is fetched and checked before anything is unpacked; the mark
    # goes last, so an interrupted run is redone, never half used.
    tarballs = []
    for path, entry in packages.items():
        if not path.startswith("node_modules/"):
            continue
        name = path[len("node_modules/"):]
        base = name.split("/")[-1]
        data = fetch(f"{registry}/{name}/-/{base}-{entry['version']}.tgz")
        check_integrity(name, data, entry["integrity"])
        tarballs.append((path, data))
    mark = os.path.join(here, "node_modules", ".complete")
    if os.path.exists(mark):
        os.remove(mark)
    for path, data in tarballs:
        destination = os.path.join(here, path)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        unpack(data, destination)
    with open(mark, "w") as f:
        f.write("from package-lock.json\n")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as error:  # one line naming what failed, for the test's log
        print(f"fetch_modules: {error}", file=sys.stderr)
        sys.exit(1)
