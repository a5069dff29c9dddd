"""The `herdmask` command: the whole job over recordings, built on the library's public functions.

It needs the application's extra dependencies (dask, distributed, tqdm):
`pip install herdmask[app]`.
"""
