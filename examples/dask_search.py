"""Search a corpus of files with Dask, on one machine or a cluster.

    from dask.distributed import Client
    from dask_search import search_corpus
    with Client("scheduler-address:8786") as client:
        for record in search_corpus(paths, "lighthouse", ignore_case=True,
                                    metric="levenshtein", client=client):
            print(record)

Each worker needs the wheel (tessarin, tessarin_search, tessarin_cli)
installed and must see the files under the same paths. A file is one task: a
worker reads it and searches it through the search library, tessarin_search,
which locates each match in the original text, so the records agree with
`tessarin --json`.

Run as a script for a quick look on a local cluster:
    python examples/dask_search.py PATTERN FILE...
"""

import sys
from functools import partial
from typing import NamedTuple

import dask.bag

from tessarin_cli.search import build_search, search_file


class Record(NamedTuple):
    path: str
    line: int     # 1-based
    column: int   # 1-based, in code points
    start: int    # code-point offsets into the file's text, end exclusive
    end: int
    score: float


def search_corpus(paths, pattern, *, client=None, npartitions=None, **options):
    """Searches every file for the pattern; returns Records in path order.

    `options` are those of tessarin_cli.build_search (separator, ignore_case,
    ignore_accents, fuzzy, metric, threshold, threshold_kind, strategies),
    with the command's defaults. Without a client, Dask's current scheduler
    runs the tasks. A file that cannot be read or decoded raises OSError;
    a search that cannot be formed raises ValueError.
    """
    search = build_search(pattern, **options)
    paths = [str(path) for path in paths]
    if not paths:
        return []
    files = dask.bag.from_sequence(paths, npartitions=npartitions or min(len(paths), 64))
    searched = files.map(partial(search_file, search))
    results = client.compute(searched).result() if client else searched.compute()
    records = []
    for result in results:
        if result.fatal:  # the search cannot work at all (empty pattern and separator)
            raise ValueError(result.error)
        if result.error:
            raise OSError(f"{result.path}: {result.error}")
        records.extend(Record(result.path, hit.line, hit.column, hit.start, hit.end, hit.score)
                       for hit in result.hits)
    return records


if __name__ == "__main__":
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        for record in search_corpus(sys.argv[2:], sys.argv[1], ignore_case=True, fuzzy=True,
                                    client=client):
            print(*record, sep="\t")
