#!/usr/bin/env python3
# Where a run on a probe scene goes wrong, frame by frame: the true animals no report lies
# within 5 px of (misses) and the reports no true animal lies near (false positives), paired
# greedily nearest first. Without FRAMES, one line of the frames with errors; with FRAMES (a
# comma-separated list), each miss and false positive on those frames with its nearest neighbour.
#
#   bench/probe/diff.py SCENE_DIR [TRACKS (default tracks.csv, in SCENE_DIR)] [FRAMES]
import sys, csv, math, collections
d = sys.argv[1]; tf = sys.argv[2] if len(sys.argv) > 2 else 'tracks.csv'
frames = [int(x) for x in sys.argv[3].split(',')] if len(sys.argv) > 3 else None
def rows(p, tr):
    out = collections.defaultdict(list)
    with open(p) as f:
        r = csv.DictReader(l for l in f if not l.startswith('#'))
        for x in r:
            if tr and (x.get('missing') == '1' or x['x'] == ''): continue
            ident = x.get('track', x['object']) if tr else x['object']
            if tr and ident == '-1': continue
            out[int(x['frame'])].append((ident, float(x['x']), float(x['y']), x.get('area', ''), x.get('split', '')))
    return out
T = rows(f'{d}/truth.csv', False); K = rows(f'{d}/{tf}', True)
miss_by = collections.Counter(); fp_tot = 0; summary = []
for f in sorted(T):
    if frames and f not in frames: continue
    t = T[f]; k = list(K.get(f, []))
    pairs = sorted((math.hypot(a[1]-b[1], a[2]-b[2]), i, j) for i, a in enumerate(t) for j, b in enumerate(k))
    ut, uk = set(range(len(t))), set(range(len(k)))
    for dist, i, j in pairs:
        if dist <= 5 and i in ut and j in uk: ut.discard(i); uk.discard(j)
    if frames:
        print(f'frame {f}: truth {len(t)}, reported {len(k)}')
        for i in sorted(ut):
            a = t[i]; near = min(((math.hypot(a[1]-b[1], a[2]-b[2]), b) for b in k), default=None)
            print(f'  MISS truth {a[0]} at ({a[1]:.1f},{a[2]:.1f}); nearest report ' + (f'{near[1][0]} at ({near[1][1]:.1f},{near[1][2]:.1f}) d={near[0]:.1f} area={near[1][3]} split={near[1][4]}' if near else 'none'))
        for j in sorted(uk):
            b = k[j]; near = min(((math.hypot(a[1]-b[1], a[2]-b[2]), a) for a in t), default=None)
            print(f'  FP report {b[0]} at ({b[1]:.1f},{b[2]:.1f}) area={b[3]} split={b[4]}; nearest truth {near[1][0]} d={near[0]:.1f}')
    summary.append((f, len(ut), len(uk)))
if not frames:
    print('frame: misses/false positives for frames with errors (first 40):')
    print(' '.join(f'{f}:{m}/{p}' for f, m, p in [s for s in summary if s[1] or s[2]][:60]))
