"""The analyses, each taking trees or their split table and returning a typed result:
``distances`` (what ``kestrilune rf|wrf|kf`` reports besides the matrix), ``converge``
(convergence diagnostics), ``params`` (the logged parameters' mean, HPD, ESS and PSRF),
``summaries`` (consensus, topologies, MCC and CCD trees) and ``scale`` (big posteriors:
Zarr, memory-mapped .npy, Dask)."""
