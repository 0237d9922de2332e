"""Runs every benchmark under bench/ and prints one table."""
import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import print_table  # noqa: E402


def main(argv):
    selected = argv[1:]
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if selected and not any(s in path.stem for s in selected):
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"running {path.name} ...", file=sys.stderr, flush=True)
        rows.extend(module.run())
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
