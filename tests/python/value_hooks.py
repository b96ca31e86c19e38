"""Values that count as numbers only through their conversion hooks."""


class Index:
    """An integer through __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A real through __float__ alone."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
