#!/usr/bin/env python3
"""Rewrites a docker-archive image (podman save --format docker-archive) without what records
the build rather than the image: the builder's container ID and host name, which differ on
every build, and the archive's member times. The image's ID, the digest of its configuration,
then depends on its content only.

    normalise-docker-archive.py IN.tar OUT.tar
"""

import hashlib
import io
import json
import sys
import tarfile


def main(source: str, target: str) -> None:
    with tarfile.open(source) as tin, tarfile.open(target, "w", format=tarfile.PAX_FORMAT) as tout:
        manifest = json.load(tin.extractfile("manifest.json"))
        if len(manifest) != 1:
            sys.exit(f"{source}: expected one image, found {len(manifest)}")
        old_name = manifest[0]["Config"]
        config = json.load(tin.extractfile(old_name))
        config.pop("container", None)
        for key in ("config", "container_config"):
            if key in config:
                config[key]["Hostname"] = ""
        data = json.dumps(config, separators=(",", ":"), sort_keys=True).encode()
        new_name = hashlib.sha256(data).hexdigest() + ".json"
        manifest[0]["Config"] = new_name

        def add(name: str, payload: bytes) -> None:
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(payload), 0, 0o644
            tout.addfile(info, io.BytesIO(payload))

        for member in tin.getmembers():
            if member.name in (old_name, "manifest.json"):
                continue
            member.mtime = 0
            tout.addfile(member, tin.extractfile(member) if member.isfile() else None)
        add(new_name, data)
        add("manifest.json", json.dumps(manifest).encode())


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
