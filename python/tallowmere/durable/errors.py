"""The failures of durable brokers and their stores. Each is a BrokerError
whose text is "code: detail", like the broker's own, so `error_code` names
its kind."""

from .._native import BrokerError


class DurableError(BrokerError):
    """A failure of a durable broker or of its store."""


class JournalRefused(DurableError):
    """A stored journal that does not rebuild: `text` is the journal's own
    error text, `sequence` the entry it names (or the checkpoint's sequence
    when the checkpoint itself is refused); the failure text adds both."""

    def __init__(self, text, sequence, at="entry"):
        super().__init__(f"{text} ({at} {sequence})")
        self.text = text
        self.sequence = sequence
        self.at = at

    def __reduce__(self):
        return (type(self), (self.text, self.sequence, self.at))


def code_of(error):
    """The code of a failure text: the part before ": ", or the whole text."""
    return str(error).partition(": ")[0]
