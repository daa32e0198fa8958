"""An integer-like argument for the tests: converts through __index__, optionally running a
callback first (to call back into a model, mutate a sequence or raise)."""


class Index:
    def __init__(self, value, on_index=None):
        self.value = value
        self.on_index = on_index

    def __index__(self):
        if self.on_index is not None:
            self.on_index()
        return self.value
