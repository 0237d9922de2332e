"""Stand-in SDK strategy base class and context."""
import threading


class Context:
    """Records broker registrations and subscriptions; runs timers on real threads."""

    def __init__(self):
        self.calls = []
        self.timers = []

    def add_md_broker(self, md_type):
        self.calls.append(("add_md_broker", md_type))

    def set_order_way(self, way):
        self.calls.append(("set_order_way", way))

    def add_td_broker(self, td_type):
        self.calls.append(("add_td_broker", td_type))

    def add_algo_broker(self, algo_type):
        self.calls.append(("add_algo_broker", algo_type))

    def subscribe(self, md_type, market_type, data_type, codes, frequency):
        self.calls.append(("subscribe", md_type, market_type, data_type, codes, frequency))

    def add_timer_interval(self, delay_ns, callback):
        """Call `callback()` once, on a timer thread, after `delay_ns` nanoseconds."""
        timer = threading.Timer(max(delay_ns, 0) / 1e9, callback)
        timer.daemon = True
        self.timers.append((delay_ns, callback, timer))
        timer.start()
        return timer

    def cancel_timers(self):
        for _, _, timer in self.timers:
            timer.cancel()


class VantaStrategy:
    def __init__(self):
        self.context = Context()
