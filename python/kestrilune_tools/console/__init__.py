"""What the commands share: the parser and Context they run in (cli), the progress display,
outputs written complete or not at all, and the tile-by-tile writers of matrices beyond
memory (scale). Commands import from here; nothing here imports a command (cli finds them
by module name when it dispatches)."""
