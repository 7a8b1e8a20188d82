import timeit, numpy as np, tavlen, sys
sys.path.insert(0, "bench")
import cases_driver as c
m = tavlen.Model([c.Tick()])
for n in (1, 2000, 20000):
    b = np.full(n, 1950.0)
    t = min(timeit.repeat(lambda: m.run(b, seed=1, block_size=max(n,1)), number=5, repeat=7))/5
    print(n, "%.3f ms" % (t*1e3))
