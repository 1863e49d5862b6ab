"""corvela-image: assembles, brands and signs application images for the Corvela launcher.

One module per concern: `image` (assembly), `pe` (PE resources), `icon`, `versioninfo`,
`manifest` (the code page), `signing`, and `cli`, the command line over them. Only `cli` prints.
"""
