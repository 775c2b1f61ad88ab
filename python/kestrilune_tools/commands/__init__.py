"""The ``kestrilune`` commands, one module each: ``distance`` (rf|wrf|kf), ``converge``,
``summarize``. A command parses its options, calls its analyses and writes its outputs
through ``console``; commands never import each other."""
