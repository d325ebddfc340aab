"""
@des: 这个文件仅仅作为views，接口调用访问，归因内部不用这个文件
"""
from typing import Any, Dict, List, Optional, Sequence, Union

__test__: Dict[str, Any]

class ThinkDataQuery:
    """Client of one ThinkData deployment: saves query results as local CSV files."""

    query_uri: Any
    token: Any
    hive_conn_info: Sequence[Any]
    def __init__(self, query_uri: Any, token: Any, hive_conn_info: Sequence[Any] = ["host", 0]) -> None: ...
    def gen_local_unique_file(self, ext: object = "csv") -> str:
        """A fresh path in /mydata/media/docs; the file is not created."""
    def g_to_csv_notmp(
        self,
        filepath: str,
        df: Any,
        index: Optional[bool] = True,
        compression: Optional[str] = None,
        mode: str = "w",
        header: Union[bool, List[str]] = True,
    ) -> bool:
        """Write ``df`` (a pandas DataFrame) to ``filepath``; mode "a" appends."""
    def get_data_csv(self, ctx: Any, sql: str, block_size: int = 100000) -> str:
        """Export ``sql`` through the OpenAPI endpoint; returns the CSV path."""
    def get_data_raw_pyhive(
        self,
        ctx: Any,
        sql: str,
        block_size: int = 100000,
        fetch_size: int = 10000,
        retry_count: int = 5,
        read_timeout: float = 300,
        upcount: Optional[int] = None,
    ) -> Optional[str]:
        """Export ``sql`` directly from Presto, retrying on read time-outs; returns the CSV path."""
    def get_data_raw_pyhive_i(
        self,
        ctx: Any,
        unique_path: str,
        sql: str,
        block_size: int = 100000,
        fetch_size: int = 10000,
        read_timeout: float = 300,
        upcount: Optional[int] = None,
    ) -> str:
        """One direct attempt into ``unique_path``."""
