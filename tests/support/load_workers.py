"""Worker of the algo-store load test (importable by spawned children)."""
import random
import traceback


class Instrument:
    def __init__(self, market_code, contract_multiplier=1.0):
        self.market_code = market_code
        self.contract_multiplier = contract_multiplier

    def __hash__(self):
        return hash(self.market_code)

    def __eq__(self, other):
        return isinstance(other, Instrument) and other.market_code == self.market_code


def algo_query_worker(seed, algo_dir, min_dir, codes, windows, start, out):
    """Once every worker has imported, asks for every (code, window) in an order of its own, with one
    store; reports {(code, window): array bytes} or the first error."""
    try:
        import importlib

        from support import QUARRYBIN

        quarrybin = importlib.import_module(QUARRYBIN)
        jobs = [(code, w) for code in codes for w in windows]
        random.Random(seed).shuffle(jobs)
        start.wait(300)
        store = quarrybin.AlgoStore(algo_dir, min_dir)
        got = {}
        for code, w in jobs:
            got[(code, w)] = store.get_bars(Instrument(code), *w).tobytes()
        out.put(("ok", seed, got))
    except BaseException:
        out.put(("error", seed, traceback.format_exc()))
