# Test share as the reviewers count it: non-blank, non-comment lines of .cpp/.h/.cu/.py;
# files under any tests/ folder are tests; library and hosts are code (bench, fuzz,
# examples and scripts left out). Run from the project root; "x" lists test files.
import os, re, sys
def count(path):
    n = 0; inblock = False; py = path.endswith('.py')
    for line in open(path, errors='ignore'):
        s = line.strip()
        if not s: continue
        if py:
            if s.startswith('#'): continue
            n += 1; continue
        if inblock:
            if '*/' in s: inblock = False
            continue
        if s.startswith('//'): continue
        if s.startswith('/*'):
            if '*/' not in s: inblock = True
            continue
        n += 1
    return n
code = test = 0; per = {}
for root, dirs, files in os.walk('.'):
    if 'build' in root or '.git' in root: continue
    for f in files:
        p = os.path.join(root, f)
        if not re.search(r'\.(cpp|h|cu|cuh|py)$', f): continue
        n = count(p)
        if '/tests' in p: test += n; per[p] = n
        elif p.startswith(('./bench', './fuzz', './examples', './scripts')): pass
        else: code += n
print('code', code, 'test', test, 'ratio %.3f' % (test / code), 'tests allowed at 33 %%: %d' % (0.33 * code))
if len(sys.argv) > 1:
    for p, n in sorted(per.items(), key=lambda x: -x[1]): print(n, p)
