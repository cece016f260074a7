#!/usr/bin/env python3
# The frames where a true animal of a probe scene is paired with another track than before
# (pairs within 5 px, nearest first): where a run's identity switches happen.
#
#   bench/probe/switches.py SCENE_DIR [TRACKS (default tracks.csv, in SCENE_DIR)]
import sys, csv, math, collections
d = sys.argv[1]; tf = sys.argv[2] if len(sys.argv) > 2 else 'tracks.csv'
def rows(p, tr):
    out = collections.defaultdict(list)
    with open(p) as f:
        for x in csv.DictReader(l for l in f if not l.startswith('#')):
            if tr and (x.get('missing') == '1' or x['x'] == ''): continue
            ident = x.get('track', x['object']) if tr else x['object']
            if tr and ident == '-1': continue
            out[int(x['frame'])].append((ident, float(x['x']), float(x['y']), x.get('confidence', '')))
    return out
T = rows(f'{d}/truth.csv', False); K = rows(f'{d}/{tf}', True)
last = {}
for f in sorted(T):
    t = T[f]; k = K.get(f, [])
    pairs = sorted((math.hypot(a[1]-b[1], a[2]-b[2]), i, j) for i, a in enumerate(t) for j, b in enumerate(k))
    ut, uk = set(range(len(t))), set(range(len(k)))
    for dist, i, j in pairs:
        if dist <= 5 and i in ut and j in uk:
            ut.discard(i); uk.discard(j)
            tid, kid = t[i][0], k[j][0]
            if tid in last and last[tid] != kid:
                print(f'frame {f}: truth {tid} at ({t[i][1]:.1f},{t[i][2]:.1f}) now track {kid} (was {last[tid]}), conf {k[j][3]}')
            last[tid] = kid
