"""The three distances, named once: ``Metric`` for annotations, and what the readers of a
result see of each (long names for summaries, short labels for axes)."""

from __future__ import annotations

from typing import Dict, Literal, Tuple, get_args

__all__ = ["Metric", "METRICS", "METRIC_NAMES", "METRIC_LABELS"]

Metric = Literal["rf", "wrf", "kf"]

METRICS: Tuple[Metric, ...] = get_args(Metric)
METRIC_NAMES: Dict[Metric, str] = {"rf": "Robinson-Foulds", "wrf": "weighted Robinson-Foulds",
                                   "kf": "Kuhner-Felsenstein branch score"}
METRIC_LABELS: Dict[Metric, str] = {"rf": "RF", "wrf": "WRF", "kf": "KF"}
