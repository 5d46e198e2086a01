"""Many ESE database files at once: one Arrow stream over the same table in
every file (`scan`), and the same as a Dask dataframe
(`pellumo_fleet.dask.read_table`) or a Spark data source
(`pellumo_fleet.spark.EseDataSource`). Needs pyarrow (`pip install
'pellumo[arrow]'`); the Dask and Spark modules need their engines."""

from pellumo_fleet._paths import expand_paths
from pellumo_fleet._scan import Scan, SkippedFile, scan
from pellumo_fleet._schema import SchemaConflictError
from pellumo_fleet._warnings import SkippedFileWarning

__all__ = ["Scan", "SchemaConflictError", "SkippedFile", "SkippedFileWarning", "expand_paths", "scan"]
