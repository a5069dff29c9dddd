"""Review subsystem."""

__all__: list = []
