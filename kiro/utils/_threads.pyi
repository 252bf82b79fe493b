def set_num_threads(n: int) -> None:
    """Set the number of threads kiro's OpenCV uses for one call (negative: OpenCV's default)."""
    ...

def get_num_threads() -> int:
    """Number of threads kiro's OpenCV uses for one call."""
    ...
