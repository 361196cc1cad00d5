"""The names that tessarin's functions know, in one place for every Python reader.

The type stubs, the command line tool and the tests read these or are checked
against them; the core's test checks its own table of metrics against
METRICS, so a name added on one side only fails a test.
"""

METRICS = ("levenshtein", "damerau_levenshtein", "osa", "indel", "lcs_seq",
           "hamming", "jaro", "jaro_winkler", "prefix", "postfix")
STRATEGIES = ("best_match", "shortest", "longest", "minimum_isolated_character")
