"""The exception of the valmora module."""


class ValmoraError(Exception):
    """A record that cannot be read, decoded, packed or restored; the message
    names the record's offset and the reason."""
