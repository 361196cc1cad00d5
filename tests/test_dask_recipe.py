import json
import sys
from pathlib import Path

import pytest

pytest.importorskip("dask.distributed")
import dask  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import tessarin_cli  # noqa: E402

EXAMPLES = Path(__file__).parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
from dask_search import Record, search_corpus  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


@pytest.fixture
def corpus(tmp_path):
    texts = ["İzmir lighthouse\nno light here", "nothing", "the\nlighthose, İİ lighthouse"]
    paths = [tmp_path / f"{n}.txt" for n in range(len(texts))]
    for path, text in zip(paths, texts):
        path.write_text(text, encoding="utf-8")
    return paths + [EXAMPLES / "sample.txt"]


def cli_records(capsys, *args):
    assert tessarin_cli.main(["--json", *map(str, args)]) == 0
    return [Record(**{key: value for key, value in json.loads(line).items() if key in Record._fields})
            for line in capsys.readouterr().out.splitlines()]


def test_a_cluster_finds_what_the_command_finds(client, corpus, capsys):
    assert len(client.scheduler_info()["workers"]) == 2
    records = search_corpus(corpus, "lighthouse", ignore_case=True, fuzzy=True, client=client)
    assert records == cli_records(capsys, "-i", "-Z", "lighthouse", *corpus)
    assert records[:3] == [Record(str(corpus[0]), 1, 7, 6, 16, 0.0),
                           Record(str(corpus[2]), 2, 1, 4, 13, 0.1),
                           Record(str(corpus[2]), 2, 15, 18, 28, 0.0)]


def test_without_a_client_dask_scheduler_runs_it(corpus, capsys):
    with dask.config.set(scheduler="synchronous"):
        records = search_corpus(corpus, "old harbour", separator=" ", ignore_case=True, fuzzy=True)
    assert records == cli_records(capsys, "-i", "--separator", " ", "-Z", "old harbour", *corpus)
    assert search_corpus([], "x") == []


def test_failures_raise(client, tmp_path):
    with pytest.raises(OSError, match="missing.txt: No such file"):
        search_corpus([tmp_path / "missing.txt"], "x", client=client)
    with pytest.raises(ValueError, match="unknown metric"):
        search_corpus([tmp_path / "missing.txt"], "x", metric="nope", client=client)
