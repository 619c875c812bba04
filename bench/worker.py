"""Times one task on one input file in a fresh process; prints JSON with the best time and the
peak resident memory the task added on top of the loaded input."""

import json
import resource
import sys
import time


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def reset_peak_rss():
    # Linux resets the resident high-water mark (VmHWM) on this write.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def prepare(task, data):
    """Returns a zero-argument callable for the task; setup work (building the suffix array a
    peer function needs as its input) happens here, outside the timing."""
    kind, _, arg = task.partition(":")
    if kind == "quarnel_sa":
        from quarnel import _native
        return lambda: _native.suffix_array_fn(data, arg)
    if kind == "pydss_sa":
        import pydivsufsort
        arr = data
        return lambda: pydivsufsort.divsufsort(arr)
    if kind == "quarnel_lcp":
        from quarnel import _native
        return lambda: _native.lcp_array(data)
    if kind == "pydss_lcp":  # divsufsort + kasai: the same work lcp_array does
        import pydivsufsort
        arr = data
        return lambda: pydivsufsort.kasai(arr, pydivsufsort.divsufsort(arr))
    if kind == "quarnel_bwt":
        from quarnel import _native
        return lambda: _native.bwt(data)
    if kind == "pydss_bwt":
        import pydivsufsort
        arr = data
        return lambda: pydivsufsort.bw_transform(arr)
    if kind == "quarnel_ibwt":
        from quarnel import _native
        last, primary = _native.bwt(data)
        return lambda: _native.inverse_bwt_fn(last, primary)
    if kind == "pydss_ibwt":
        import pydivsufsort
        arr = data
        primary, last = pydivsufsort.bw_transform(arr)
        return lambda: pydivsufsort.inverse_bw_transform(primary, last)
    if kind in ("quarnel_count", "quarnel_locate"):
        from quarnel import _native
        pattern = data[len(data) // 2: len(data) // 2 + int(arg)]
        fn = _native.count if kind == "quarnel_count" else _native.locate
        return lambda: fn(data, pattern)
    if kind == "pydss_search":  # divsufsort + sa_search, as count/locate build their array
        import pydivsufsort
        arr = data
        pattern = data[len(data) // 2: len(data) // 2 + int(arg)]
        return lambda: pydivsufsort.sa_search(arr, pydivsufsort.divsufsort(arr), pattern)
    if kind == "quarnel_distinct":
        from quarnel import _native
        text = data.decode("latin-1")
        return lambda: _native.distinct_substring_count(text)
    if kind == "pydss_distinct":  # the same computation from pydivsufsort's pieces
        import pydivsufsort
        raw = data.decode("latin-1").encode("utf-16-le")  # byte-level stand-in for the units

        def run():
            sa = pydivsufsort.divsufsort(raw)
            lcp = pydivsufsort.kasai(raw, sa)
            n = len(raw)
            return n * (n + 1) // 2 - int(lcp.sum())
        return run
    if kind == "quarnel_dups":
        from quarnel import _native
        text = data.decode("utf-8", "replace")
        blocks = arg == "blocks"
        return lambda: _native.find_duplicates(text, enable_block_detection=blocks)
    if kind in ("quarnel_phrases", "quarnel_passages"):  # a corpus: documents split at \x1e
        import quarnel
        docs = data.decode("utf-8").split("\x1e")
        fn = quarnel.find_phrases if kind == "quarnel_phrases" else quarnel.find_passages
        return lambda: fn(docs)
    if kind == "ngram_baseline":  # what a user would otherwise write
        from collections import Counter
        text = data.decode("utf-8", "replace")

        def run():
            words = text.split()
            counts = Counter()
            for k in range(4, 51):
                counts.update(zip(*(words[i:] for i in range(k))))
            return [gram for gram, c in counts.items() if c >= 2]
        return run
    raise SystemExit(f"unknown task {task}")


def main():
    task, path, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(path, "rb") as f:
        data = f.read()
    fn = prepare(task, data)
    del data  # the task holds what it reads (the corpus tasks their documents only)
    baseline = current_rss()
    reset_peak_rss()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
        del result
    print(json.dumps({"seconds": best, "peak_extra_bytes": max(0, peak_rss() - baseline)}))


if __name__ == "__main__":
    main()
