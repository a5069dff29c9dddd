"""Number text shared by every message: integers plain, reals as repr writes them."""

import numbers


def number_text(value) -> str:
    """Text of a number as the library prints it (0, 10.0, 0.30000000000000004, 1e-05)."""
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return str(value)
