#!/usr/bin/env bash
# The product's folders depend one way: each includes only itself and the
# folders after it in the list below, and no files include each other in a
# circle. A new folder must be placed in the list.
set -euo pipefail
source_dir=${2:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$source_dir"
python3 - app download utils session trust transfer install <<'PY'
import os, re, sys

order = sys.argv[1:]
rank = {folder: i for i, folder in enumerate(order)}
where, edges = {}, {}
for folder in order:
    for name in os.listdir(folder):
        if name.endswith(('.h', '.cpp')):
            where[name] = folder
problems = []
for name, folder in where.items():
    unit = os.path.splitext(name)[0]
    with open(os.path.join(folder, name), encoding='utf-8') as source:
        for included in re.findall(r'^#include "([^"]+)"', source.read(), re.M):
            target = where.get(included)
            if target is None:
                continue
            if rank[target] < rank[folder]:
                problems.append(f'{folder}/{name} includes {target}/{included}, a folder above it')
            other = os.path.splitext(included)[0]
            if other != unit:
                edges.setdefault(unit, set()).add(other)

# Circles among units (a header and its source are one unit).
state = {}
def visit(unit, path):
    state[unit] = 'open'
    for other in sorted(edges.get(unit, ())):
        if state.get(other) == 'open':
            problems.append('a circle: ' + ' -> '.join(path[path.index(other):] + [other]))
        elif other not in state:
            visit(other, path + [other])
    state[unit] = 'done'
for unit in sorted(edges):
    if unit not in state:
        visit(unit, [unit])

for problem in problems:
    print(problem)
print(f'{len(where)} files in {len(order)} folders, {len(problems)} problem(s)')
sys.exit(1 if problems else 0)
PY
