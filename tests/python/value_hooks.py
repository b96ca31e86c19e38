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


class Acting:
    """An integer through __index__ that first runs `action` once (on its first call)."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


def growing(row, value=1):
    """An integer through __index__ that first adds a key to `row`: put in `row` itself, it
    makes the dictionary change size while it is being read."""
    return Acting(lambda: row.__setitem__("grown", 1), value)
