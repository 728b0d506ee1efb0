from typing import Generic, TypeVar

K = TypeVar("K")

V = TypeVar("V")

class ExpiryCache(Generic[K, V]):
    """
    In-memory key/value store whose entries expire ttl_seconds after they were stored.

    An entry is served while its age is at most the lifetime and dropped by the first get()
    that finds it older. There is no size limit and no background work.
    """

    def __init__(self, ttl_seconds: object | None, now: object = ...) -> None:
        """Create an empty cache."""

    def get(self, key: object | None) -> object:
        """The value stored under key if present and not expired, else None."""

    def put(self, key: object | None, value: object | None) -> None:
        """Store value under key, stamped with the clock now."""

    def clear(self) -> None:
        """Remove every entry."""

    __parameters__: tuple = (TypeVar("K"), TypeVar("V"))

__all__: tuple = "ExpiryCache"
