"""The split table and what comes out of it: ``engine`` (``SplitTable``: parse once, any
block or reduction), ``splits`` (split data for the summaries and diagnostics), ``result``
(``TreeDistances``, a matrix with its labels and settings) and ``metrics`` (``Metric``)."""
