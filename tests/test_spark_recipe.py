"""Runs the PySpark recipe exactly as the README shows it."""
import os
import re
import shutil
from pathlib import Path

import pytest

from tessarin_cli import build_search

README = Path(__file__).parents[1] / "README.md"
TEXTS = {"a.txt": "İİ lighthouse\nnone here", "b.txt": "nothing", "c.txt": "x\nlighthose"}
EXPECTED = [("a.txt", 1, 4, 3, 13, 0.0), ("c.txt", 2, 1, 2, 11, 0.1)]


def readme_recipe():
    pytest.importorskip("pandas")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)
    (code,) = [block for block in blocks if "mapInPandas" in block]
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    return namespace


def test_partition_function_turns_texts_into_match_rows():
    pd = pytest.importorskip("pandas")
    search_batches = readme_recipe()["search_batches"]
    batches = [pd.DataFrame({"path": ["a.txt", "b.txt"], "text": [TEXTS["a.txt"], TEXTS["b.txt"]]}),
               pd.DataFrame({"path": ["c.txt"], "text": [TEXTS["c.txt"]]})]
    frames = search_batches(build_search("lighthouse", ignore_case=True, fuzzy=True))(iter(batches))
    assert [tuple(row) for frame in frames for row in frame.itertuples(index=False)] == EXPECTED


def test_on_a_local_spark_session(tmp_path):
    pytest.importorskip("pyspark")
    if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
        pytest.skip("no JVM")
    from pyspark.sql import SparkSession
    search_with_spark = readme_recipe()["search_with_spark"]
    for name, text in TEXTS.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    spark = SparkSession.builder.master("local[2]").appName("tessarin-test").getOrCreate()
    try:
        rows = search_with_spark(spark, [str(tmp_path / name) for name in TEXTS], "lighthouse",
                                 ignore_case=True, fuzzy=True)
    finally:
        spark.stop()
    assert sorted((Path(row.path).name, *row[1:]) for row in rows) == EXPECTED
