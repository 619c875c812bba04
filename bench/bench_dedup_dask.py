"""quarnel.dask.dedup on a LocalCluster of 2 worker processes x 1 thread against the local
engine, on the cleaning corpus (dedup_corpus.py): output identical or not, time against
quarnel.dedup's (best of --local-rounds fresh processes, in the same run), each worker's peak
resident memory (its high-water mark during the job, and what it added to what it held before),
the bytes the workers sent one another per input byte (task results another worker asked for,
plus what peer-to-peer shuffles sent), and what those shuffles wrote to disk, for 2, 4 and 8
partitions per worker.

Needs dask[distributed,dataframe] in the project's venv. The documents are put on the workers
(persisted) before the clock starts, as the local engine gets them in memory; the cleaned
partitions stay on the workers (persisted) until the clock stops, then are gathered and compared
with the local engine's texts."""

import argparse
import json
import time

import pandas as pd

from bench_dedup import RESULTS, run_engine
from dedup_corpus import corpus, load
from harness import table


def _reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def _memory():
    status = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                status[key] = int(value.split()[0]) * 1024
    return status


def _shuffle_bytes(dask_scheduler):
    m = dask_scheduler.cumulative_worker_metrics
    # task results served to other workers, from memory or from spill
    served = sum(v for k, v in m.items() if k[0] == "get-data" and k[-1] == "bytes")
    return {"sent": m.get(("p2p", "background-comms", "process", "bytes"), 0) + served,
            "disk": m.get(("p2p", "background-disk", "disk-write", "bytes"), 0)}


def run_dask(texts, partitions, local_texts):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    import quarnel.dask as qd
    size = sum(len(t.encode()) for t in texts)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        frame = client.persist(dd.from_pandas(pd.DataFrame({"text": texts}),
                                              npartitions=partitions, sort=False))
        wait(frame)
        before = client.run(_memory)
        client.run(_reset_peak)
        shuffled = client.run_on_scheduler(_shuffle_bytes)
        start = time.perf_counter()
        cleaned = client.persist(qd.dedup(frame))
        wait(cleaned)
        seconds = time.perf_counter() - start
        after = client.run(_memory)
        moved = client.run_on_scheduler(_shuffle_bytes)
        out = cleaned["text"].compute().tolist()
    peaks = [after[w]["VmHWM"] for w in sorted(after)]
    added = [after[w]["VmHWM"] - before[w]["VmRSS"] for w in sorted(after)]
    return {"partitions": partitions, "partition_mb": size / partitions / (1 << 20),
            "seconds": seconds, "identical": out == local_texts,
            "worker_peak_bytes": peaks, "worker_added_bytes": added, "size": size,
            "sent_per_byte": (moved["sent"] - shuffled["sent"]) / size,
            "disk_per_byte": (moved["disk"] - shuffled["disk"]) / size}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="corpus, MB")
    parser.add_argument("--per-worker", default="2,4,8", help="partitions per worker")
    parser.add_argument("--local-rounds", type=int, default=2)
    args = parser.parse_args()
    folder = corpus(args.size)
    texts, _ = load(folder)
    import quarnel
    local_texts = quarnel.dedup(texts).texts
    local = min((run_engine("quarnel_dedup", folder, 1) for _ in range(args.local_rounds)),
                key=lambda r: r["seconds"])
    rows, results = [], {"local": local, "dask": []}
    for per in (int(p) for p in args.per_worker.split(",")):
        r = run_dask(texts, 2 * per, local_texts)
        results["dask"].append(r)
        rows.append([per, r["partitions"], f"{r['partition_mb']:.0f}", f"{r['seconds']:.1f}",
                     f"{r['seconds'] / local['seconds']:.1f}", "yes" if r["identical"] else "NO",
                     " ".join(f"{b / (1 << 20):.0f}" for b in r["worker_peak_bytes"]),
                     " ".join(f"{b * r['partitions'] / r['size']:.1f}"
                              for b in r["worker_added_bytes"]),
                     f"{r['sent_per_byte']:.1f}", f"{r['disk_per_byte']:.1f}"])
        print(json.dumps(r), flush=True)
    print(f"local quarnel.dedup: {local['seconds']:.1f} s, peak "
          f"{local['peak_extra_bytes'] / (1 << 20):.0f} MB over the loaded documents")
    table(rows, ["per worker", "partitions", "MB each", "s", "x local", "identical",
                 "worker peak MB", "added / partition", "sent B/B", "disk B/B"])
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "dedup_dask.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
