"""The ``kestrilune`` command: ``cli`` (parser, ``Context``, ``main``), ``progress`` (the
display on stderr), ``outputs`` (complete-or-absent files) and one module per command
(``distance`` for rf|wrf|kf with its big-posterior options in ``scale``, ``converge``,
``summarize``). Commands never import each other."""
