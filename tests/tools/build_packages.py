#!/usr/bin/env python3
"""build_packages.py CMAKE_CACHE INSTALL_SCRIPT: fails when a file the configured build uses
belongs to no package that the build group of INSTALL_SCRIPT installs (one of the group's
packages, or one that they depend on). Used are the cache's *_DIR folders, and its include and
library paths that the generated compile and link commands name: a module's optional find (an
EGL library that Qt's OpenGL lookup happens to see) is not."""
import os
import re
import subprocess
import sys

cache, script = sys.argv[1:3]
if subprocess.run(["sh", "-c", "command -v dpkg-query"], capture_output=True).returncode:
    print("SKIPPED: not a Debian system")
    sys.exit(77)

values = dict(re.findall(r"^([^#/\n][^:=\n]*):[A-Z]+=(.*)$", open(cache, encoding="utf-8").read(), re.M))
ours = (values.get("CMAKE_HOME_DIRECTORY", "/nowhere"), values.get("CMAKE_CACHEFILE_DIR", "/nowhere"))
commands = ""
for folder, _, files in os.walk(os.path.dirname(os.path.abspath(cache))):
    for file in {"flags.make", "link.txt"} & set(files):
        commands += open(os.path.join(folder, file), encoding="utf-8").read()
used = {}  # path -> the cache entry that names it
for key, value in values.items():
    if re.search(r"_DIR$|INCLUDE|LIBRAR|^pkgcfg_lib_", key) and not key.startswith("CMAKE_"):
        for path in value.split(";"):
            if path.startswith("/") and not path.startswith(ours) and (key.endswith("_DIR") or path in commands):
                used.setdefault(os.path.normpath(path), key)

group = subprocess.run(["bash", script, "--list", "build"], capture_output=True, text=True, check=True).stdout.split()
# What the group installs: its packages and, through Depends and Pre-Depends, theirs.
installed = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}\t${Package}\t${Provides}\t${Pre-Depends}, ${Depends}\n"],
                           capture_output=True, text=True).stdout
depends, providers = {}, {}
name = re.compile(r"\s*([^\s:(|]+)")
for line in installed.splitlines():
    status, package, provides, needs = line.split("\t")
    if status == "installed":
        depends[package] = [name.match(alternative).group(1) for clause in needs.split(",") if clause.strip()
                            for alternative in clause.split("|")]
        for virtual in filter(str.strip, provides.split(",")):
            providers.setdefault(name.match(virtual).group(1), []).append(package)
closure, todo = set(), list(group)
while todo:
    item = todo.pop()
    for package in [item] * (item in depends) + providers.get(item, []):
        if package not in closure:
            closure.add(package)
            todo.extend(depends[package])


def owners_of(paths):
    """path -> the packages that hold it, from one dpkg -S."""
    found = subprocess.run(["dpkg", "-S", *paths], capture_output=True, text=True).stdout
    owners = {}
    for line in found.splitlines():
        packages, _, path = line.rpartition(": ")
        if packages and not line.startswith("diversion"):
            owners.setdefault(path, set()).update(p.split(":")[0].strip() for p in packages.split(","))
    return owners


owners = owners_of(used)
# A path reached through a symbolic link that no package holds: the file it names.
resolved = {path: os.path.realpath(path) for path in used if path not in owners}
real_owners = owners_of(resolved.values()) if resolved else {}
owners.update({path: real_owners.get(real, set()) for path, real in resolved.items()})
for path, key in sorted(used.items()):
    if not owners[path] & closure:
        print(f"FAILED: {path} ({key}) comes from {', '.join(sorted(owners[path])) or 'no package'}, "
              "which the build group does not install")
if not used:
    print("FAILED: the cache names no file of a package")
print(f"{len(used)} paths checked against the build group: {' '.join(group)}")
sys.exit(0 if used and all(owners[path] & closure for path in used) else 1)
