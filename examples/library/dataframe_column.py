"""A column of a DataFrame: the rows whose description mentions a product,
misspelt or not, and where in the description.

Run it:  python examples/library/dataframe_column.py
"""

import pandas as pd

from tessarin_search import Search

ORDERS = pd.DataFrame({
    "order": [101, 102, 103, 104],
    "description": ["two lighthouses, blue", "a lightouse lamp", "harbour map", "LIGHTHOUSE poster"],
})


def mentioning(frame: pd.DataFrame, product: str) -> pd.DataFrame:
    search = Search(product, edits=1, ignore_case=True)
    found = list(search.find_many(frame["description"].tolist(), threads=2))
    texts = pd.Series([matches[0].text if matches else "" for matches in found], index=frame.index)
    return frame.assign(found=texts)[texts != ""]


def main() -> None:
    print(mentioning(ORDERS, "lighthouse").to_string(index=False))


if __name__ == "__main__":
    main()
