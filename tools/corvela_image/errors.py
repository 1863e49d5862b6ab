"""The one error type of the image tool: its message is what the user reads."""


class ImageError(Exception):
    pass
