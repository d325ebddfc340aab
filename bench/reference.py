"""Plain-Python twins of the two export loops, for comparison in benchmarks."""
import json

import pandas
import requests
from pyhive import presto

from korvane.common.defines import BMOBJ
from korvane.sadrel.sadrel import ThinkDataQuery


class PyThinkDataQuery(ThinkDataQuery):
    def get_data_csv(self, ctx, sql, block_size=100000):
        session = requests.session()
        post_data = {"token": self.token, "sql": sql}
        unique_path = self.gen_local_unique_file()
        BMOBJ.log_error("in query")
        r = session.post(self.query_uri, data=post_data, stream=True, verify=False, timeout=(300, 600))
        datas, i, cols = [], 0, []
        for row in r.iter_lines(chunk_size=104857600):
            if not row:
                continue
            data = None
            if i == 0:
                data = json.loads(row)
                if data["return_code"] != 0:
                    raise RuntimeError("sql error:", data)
                cols = data["data"]["headers"]
                self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=[], columns=cols), index=None)
                data = None
            elif row.strip() not in (b"", ""):
                data = json.loads(row)
            if data is not None:
                datas.append(data)
            i += 1
            if len(datas) == block_size:
                df = pandas.DataFrame(data=datas, columns=cols)
                self.g_to_csv_notmp(unique_path, df, index=None, mode="a", header=False)
                datas = []
            if i % block_size == 0:
                BMOBJ.clog(ctx, i)
        BMOBJ.clog(ctx, "total: " + str(i))
        if datas:
            df = pandas.DataFrame(data=datas, columns=cols)
            self.g_to_csv_notmp(unique_path, df, index=None, mode="a", header=False)
        return unique_path

    def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000, fetch_size=10000,
                              read_timeout=300, upcount=None):
        BMOBJ.log_error("in query")
        datas, i = [], 0
        conn = presto.connect(host=self.hive_conn_info[0], port=int(self.hive_conn_info[1]),
                              username="ta", catalog="hive", schema="ta",
                              requests_kwargs={"timeout": (30, read_timeout), "stream": True, "verify": False})
        try:
            cursor = conn.cursor()
            cursor.execute(sql)
            BMOBJ.clog(ctx, "文件大小")
            cols = [d[0] for d in cursor.description]
            self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=[], columns=cols), index=None)
            rows = cursor.fetchmany(fetch_size)
            while rows:
                for row in rows:
                    if not row:
                        continue
                    datas.append(row)
                    i += 1
                    if len(datas) == block_size:
                        df = pandas.DataFrame(data=datas, columns=cols)
                        self.g_to_csv_notmp(unique_path, df, index=None, mode="a", header=False)
                        datas = []
                    if i % block_size == 0:
                        BMOBJ.clog(ctx, i)
                rows = cursor.fetchmany(fetch_size)
            BMOBJ.clog(ctx, "total: " + str(i))
            if datas:
                df = pandas.DataFrame(data=datas, columns=cols)
                self.g_to_csv_notmp(unique_path, df, index=None, mode="a", header=False)
        finally:
            conn.close()
        return unique_path
