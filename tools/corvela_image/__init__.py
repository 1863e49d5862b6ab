"""corvela-image: assembles, brands, signs and packages application images for the Corvela
launcher.

One module per concern: `image` (assembly of an image's launchers from plain parameters),
`existing` (signing and packaging an image built before), `classes` (the main class in the
jars), `undo` (a run's changes undone when it fails), `show` (an exe read back), `pe` (PE
resources), `icon`, `versioninfo`, `manifest` (the code page), `signing`, `installer`, and
`cli`, the command line over them. Only `cli` prints.
"""
