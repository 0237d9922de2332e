"""Stand-in engine position."""


class Position:
    def __init__(self, market_code, direction, init_quantity=0):
        self.market_code = market_code
        self.direction = direction
        self.init_quantity = init_quantity
        self.state = None

    def set_state(self, state):
        self.state = dict(state)
