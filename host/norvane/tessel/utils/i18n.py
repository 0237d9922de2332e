"""Stand-in translation: messages are returned unchanged."""


def gettext(message):
    return message
