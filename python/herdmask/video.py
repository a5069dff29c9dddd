"""Video subsystem."""

__all__: list = []
