#!/usr/bin/env python3
"""build_packages.py CMAKE_CACHE INSTALL_SCRIPT: fails when a file that the configured build uses (a
*_DIR folder of the cache, or an include or library path of it that the build's commands name:
not a module's optional find) comes from no package that INSTALL_SCRIPT's build group installs."""
import os
import re
import subprocess
import sys

cache, script = sys.argv[1:3]
if not os.path.exists("/usr/bin/dpkg-query"):
    sys.exit(77)  # not a Debian system: skipped

values = dict(re.findall(r"^([^#/\n][^:=\n]*):[A-Z]+=(.*)$", open(cache, encoding="utf-8").read(), re.M))
ours = (values.get("CMAKE_HOME_DIRECTORY", "/nowhere"), values.get("CMAKE_CACHEFILE_DIR", "/nowhere"))
commands = "".join(open(os.path.join(folder, file), encoding="utf-8").read()
                   for folder, _, files in os.walk(os.path.dirname(os.path.abspath(cache)))
                   for file in {"flags.make", "link.txt"} & set(files))
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


# path -> the packages that hold it, or the file it links to, from one dpkg -S.
found = subprocess.run(["dpkg", "-S", *used, *map(os.path.realpath, used)], capture_output=True, text=True).stdout
holders = {}
for line in found.splitlines():
    packages, _, path = line.rpartition(": ")
    if packages and not line.startswith("diversion"):
        holders.setdefault(path, set()).update(p.split(":")[0].strip() for p in packages.split(","))
owners = {path: holders.get(path, set()) | holders.get(os.path.realpath(path), set()) for path in used}
failures = [f"FAILED: {path} ({key}) comes from {', '.join(sorted(owners[path])) or 'no package'}, which the "
            "build group does not install" for path, key in sorted(used.items()) if not owners[path] & closure]
print("\n".join(failures + [f"{len(used)} paths checked against the build group: {' '.join(group)}"]))
sys.exit(1 if failures or not used else 0)
