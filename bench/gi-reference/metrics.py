# Indirect light of a render against a reference, as docs/global-illumination.md reports
# it: python3 metrics.py ESTIMATE.pfm DIRECT.pfm REFERENCE.pfm (all PFM from
# tessra-render); prints the mean error, the median and 90th percentile of the 8 x 8
# block errors and the mean per-pixel |error| over the reference's mean.
import sys, numpy as np
def pfm(p):
    with open(p, "rb") as f:
        kind = f.readline().strip(); w, h = map(int, f.readline().split()); s = float(f.readline())
        a = np.fromfile(f, "<f4" if s < 0 else ">f4").reshape(h, w, 3 if kind == b"PF" else 1)
    return np.flipud(a).mean(axis=2).astype(np.float64)
def errors(est, ref, block=8):
    m = ref.mean()
    h, w = ref.shape
    eb = est[:h//block*block, :w//block*block].reshape(h//block, block, w//block, block).mean(axis=(1, 3))
    rb = ref[:h//block*block, :w//block*block].reshape(h//block, block, w//block, block).mean(axis=(1, 3))
    keep = rb > 0.2 * m
    rel = np.abs(eb[keep] / rb[keep] - 1)
    return est.mean() / m - 1, np.median(rel), np.percentile(rel, 90), np.abs(est - ref).mean() / m
if __name__ == "__main__":
    est, direct, ref = (pfm(p) for p in sys.argv[1:4])
    e = errors(est - direct, ref - direct)
    print("%-40s mean %+6.1f%%  block median %5.1f%%  p90 %5.1f%%  per pixel %5.1f%%  (ref indirect mean %.5f)" % (
        sys.argv[1], *(100 * x for x in e), (ref - direct).mean()))
