#!/usr/bin/python3
"""Levels every sound file of a folder on a Dask cluster, one task per file.

    dask_level.py [--scheduler HOST:PORT | --workers N] INPUT_DIR OUTPUT_DIR [level options]

Without --scheduler a cluster of N worker processes (default 2) starts on
this machine. Level options are tevo level's (--target -16, --true-peak -1,
--no-limit, --format pcm24, -y ...); each output is byte for byte what
`tevo level IN OUT` with the same options writes. On several machines the
folders must be on storage every worker sees under the same paths, and the
module tevo must import there (README, "Dask cluster").
"""

import argparse
import os
import sys
import time

import tevo

# What tevo reads by name; files of other names are left alone.
EXTENSIONS = (".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff", ".mp3")


def level_one(source, target, options):
    """One task: runs on a worker. Returns (source, result dict or error text)."""
    try:
        return source, tevo.level(source, target, **options)
    except (ValueError, OSError, RuntimeError) as error:
        return source, f"{type(error).__name__}: {error}"


def level_options(words):
    """`--name value` and `--flag` words as tevo.level's keyword arguments."""
    options = {}
    i = 0
    while i < len(words):
        word = words[i]
        if word in ("-y", "--overwrite"):
            options["overwrite"] = True
            i += 1
            continue
        if not word.startswith("--"):
            raise SystemExit(f"dask_level.py: expected an option, not '{word}'")
        name = word[2:].replace("-", "_")
        value = words[i + 1] if i + 1 < len(words) else None
        taken = value is not None and (not value.startswith("--") or _is_number(value))
        if name in ("target", "fft") and taken and not _is_number(value):
            taken = False  # bare --target / --fft: the job's default
        options[name] = value if taken else True
        i += 2 if taken else 1
    if options.pop("no_estimate_noise", False):
        options["estimate_noise"] = False
    return options


def _is_number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def level_folder(client, input_dir, output_dir, options):
    """Levels the files of `input_dir` into `output_dir` through `client`;
    returns {source: result dict or error text}."""
    names = sorted(n for n in os.listdir(input_dir) if n.lower().endswith(EXTENSIONS))
    sources = [os.path.abspath(os.path.join(input_dir, n)) for n in names]
    targets = [os.path.abspath(os.path.join(output_dir, n)) for n in names]
    # The longest files first, so that no worker is left with one at the end.
    order = sorted(range(len(names)), key=lambda i: -os.path.getsize(sources[i]))
    futures = client.map(level_one, [sources[i] for i in order], [targets[i] for i in order],
                         options=options, pure=False)
    return dict(client.gather(futures))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes without --scheduler")
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    args, rest = parser.parse_known_args(argv)
    options = level_options(rest)
    os.makedirs(args.output_dir, exist_ok=True)

    import dask
    from dask.distributed import Client, LocalCluster

    start = time.monotonic()
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        # One thread per worker: the library runs its own OpenMP threads inside
        # a job, as many as tevo runs, unless the nanny limits them to one for
        # numpy's sake (its default pre-spawn environment).
        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
        environ.pop("OMP_NUM_THREADS", None)
        dask.config.set({
            "distributed.nanny.pre-spawn-environ": environ,
            # Dask's own bookkeeping takes CPU from the jobs: its profiler
            # samples every thread each 10 ms, its event-loop and memory
            # checks run 50 and 10 times a second. Once a second is plenty
            # for tasks of seconds.
            "distributed.worker.profile.enabled": False,
            "distributed.admin.tick.interval": "1s",
            "distributed.worker.memory.monitor-interval": "1s",
        })
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        results = level_folder(client, args.input_dir, args.output_dir, options)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    failed = 0
    for source, result in sorted(results.items()):
        if isinstance(result, dict):
            out = result.get("result", {})
            print(f"{os.path.basename(source)}: {out.get('integratedLufs', float('nan')):.2f} LUFS, "
                  f"true peak {out.get('truePeakDbtp', float('nan')):.2f} dBTP")
        else:
            failed += 1
            print(f"{os.path.basename(source)}: {result}", file=sys.stderr)
    print(f"{len(results) - failed} of {len(results)} file(s) levelled in {time.monotonic() - start:.2f} s",
          file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
