"""Profiles a Parquet file of any size with flat memory: pyarrow reads it a record batch
at a time and karvo_dist counts each batch natively, with the GIL released.

    python examples/profile_arrow.py data.parquet

(`pip install 'karvo[arrow]'` brings pyarrow; `karvo-profile data.parquet` does the same
from the command line.) With polars, `profile.observe_arrow(pl.read_parquet(path))` or a
lazy frame's `.collect()` does it too. A timestamp column counts as null; cast it to an
integer to see its range, as `--epoch` does below.
"""

import sys

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from karvo_dist import Profile


def batches(path: str, epoch: bool) -> pa.RecordBatchReader:
    parquet = pq.ParquetFile(path)
    stream = parquet.iter_batches()
    if epoch:
        # Timestamps as integers (their unit since 1970), so that min and max show.
        stream = (pa.RecordBatch.from_arrays(
            [pc.cast(c, pa.int64()) if pa.types.is_timestamp(c.type) else c for c in b.columns],
            names=b.schema.names) for b in stream)
        schema = pa.schema([pa.field(f.name, pa.int64()) if pa.types.is_timestamp(f.type) else f
                            for f in parquet.schema_arrow])
        return pa.RecordBatchReader.from_batches(schema, stream)
    return pa.RecordBatchReader.from_batches(parquet.schema_arrow, stream)


def main() -> None:
    args = [a for a in sys.argv[1:] if a != "--epoch"]
    if len(args) != 1:
        sys.exit("usage: profile_arrow.py [--epoch] FILE.parquet")
    profile = Profile()
    rows = profile.observe_arrow(batches(args[0], "--epoch" in sys.argv))
    print(f"{rows:,} rows")
    print(profile.report())


if __name__ == "__main__":
    main()
