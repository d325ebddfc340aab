// korvane.pyspark_k8s.podwarden: PodWarden, a manager for the pods of the Spark cluster.
//
// The module is the native form of this Python:
//
//     import json
//     from korvane.common.defines import BMOBJ, Et
//     from korvane.oss.oss import AliyunOss
//     from kubernetes import client, config
//     import uuid
//     import arrow
//     import os
//     import base64
//     import subprocess
//
//     class PodWarden(object):
//         def __init__(self, ctx, k8s_conn_config="~/.kube/config"):
//             self.ctx = ctx
//             self.k8s_conn_config = k8s_conn_config
//             self.get_k8s_client()
//
//         def get_k8s_client(self):
//             config.load_kube_config(self.k8s_conn_config)
//             v1 = client.CoreV1Api()
//             self.k8s_client = v1
//
//         def get_all_pods(self):
//             ret = self.k8s_client.list_pod_for_all_namespaces(watch=False)
//             pod_infos = []
//             for i in ret.items:
//                 if i.metadata.namespace != "default":
//                     continue
//                 pod_infos.append({"name": i.metadata.name, "status": i.status.phase,
//                                   "create_time": i.metadata.creation_timestamp})
//             return pod_infos
//
//         def get_pod_info(self, pod_name):
//             pod_obj = self.k8s_client.read_namespaced_pod(name=pod_name, namespace="default")
//             return pod_obj
//
//         def get_pod_log(self, pod_name, lines_count=1000):
//             read_log = self.k8s_client.read_namespaced_pod_log
//             pretty = "True" if hasattr(read_log, "raw_function") else True
//             log_content = read_log(pod_name, "default", pretty=pretty, tail_lines=lines_count)
//             return log_content
//
//         def delete_pod(self, pod_name):
//             r = self.k8s_client.delete_namespaced_pod(pod_name, "default")
//             return r
//
//     if __name__ == "__main__":
//         sm = PodWarden(ctx={}, k8s_conn_config="~/.kube/config")
//         print(sm.get_pod_info("drovik-test111-7200-driver-d883cda4a63411ebb0e70242ac110002").status.phase)
//
//     __test__ = {}
#include "kvrt.h"

using namespace pybind11::literals;
using kvrt::Globals;

namespace {

constexpr const char *kModule = "korvane.pyspark_k8s.podwarden";

constexpr const char *kModuleDoc =
    "\n"
    "datetime: 20210423\n"
    "python3.8\n"
    "pyspark 提交阿里云ask集群管理器\n"
    "pip install kubernetes==12.0.1\n";

constexpr const char *kDemoPod = "drovik-test111-7200-driver-d883cda4a63411ebb0e70242ac110002";

// def __init__(self, ctx, k8s_conn_config="~/.kube/config"):
py::object pw_init(const Globals &, py::handle self, py::handle ctx, py::handle k8s_conn_config) {
    self.attr("ctx") = ctx;
    self.attr("k8s_conn_config") = k8s_conn_config;
    self.attr("get_k8s_client")();
    return py::none();
}

// def get_k8s_client(self):
py::object pw_get_k8s_client(const Globals &g, py::handle self) {
    g["config"].attr("load_kube_config")(self.attr("k8s_conn_config"));
    py::object v1 = g["client"].attr("CoreV1Api")();
    self.attr("k8s_client") = v1;
    return py::none();
}

// def get_all_pods(self):
py::object pw_get_all_pods(const Globals &, py::handle self) {
    py::object ret = self.attr("k8s_client").attr("list_pod_for_all_namespaces")("watch"_a = false);
    py::list pod_infos;
    for (py::handle i : ret.attr("items")) {
        if (kvrt::ne(i.attr("metadata").attr("namespace"), py::str("default"))) {
            continue;
        }
        py::dict info;
        info["name"] = i.attr("metadata").attr("name");
        info["status"] = i.attr("status").attr("phase");
        info["create_time"] = i.attr("metadata").attr("creation_timestamp");
        pod_infos.append(info);
    }
    return std::move(pod_infos);
}

// def get_pod_info(self, pod_name):
py::object pw_get_pod_info(const Globals &, py::handle self, py::handle pod_name) {
    py::object pod_obj =
        self.attr("k8s_client").attr("read_namespaced_pod")("name"_a = pod_name, "namespace"_a = "default");
    return pod_obj;
}

/// The `pretty` that makes the request kubernetes 12.0.1 makes for True.
/// Up to 36.x the client puts any value into the query as str() gives it
/// (?pretty=True), so it gets True itself.  From 37.0.0 on its API methods
/// validate their arguments (pydantic's validate_call, which leaves the plain
/// function as `raw_function`) and take `pretty` only as a string, so they get
/// "True": the same query, which the API server reads as true (strconv.ParseBool).
/// As Python's hasattr(), an error other than AttributeError propagates.
py::object pretty_for(py::handle read_log) {
    PyObject *raw = PyObject_GetAttrString(read_log.ptr(), "raw_function");
    if (raw != nullptr) {
        Py_DECREF(raw);
        return py::str("True");
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    return py::bool_(true);
}

// def get_pod_log(self, pod_name, lines_count=1000):
py::object pw_get_pod_log(const Globals &, py::handle self, py::handle pod_name, py::handle lines_count) {
    py::object read_log = self.attr("k8s_client").attr("read_namespaced_pod_log");
    py::object log_content =
        read_log(pod_name, "default", "pretty"_a = pretty_for(read_log), "tail_lines"_a = lines_count);
    return log_content;
}

// def delete_pod(self, pod_name):
py::object pw_delete_pod(const Globals &, py::handle self, py::handle pod_name) {
    py::object r = self.attr("k8s_client").attr("delete_namespaced_pod")(pod_name, "default");
    return r;
}

const char *const init_params[] = {"self", "ctx", "k8s_conn_config"};
const char *const self_params[] = {"self"};
const char *const pod_params[] = {"self", "pod_name"};
const char *const log_params[] = {"self", "pod_name", "lines_count"};

const kvrt::FunctionDef init_def =
    kvrt::def_<&pw_init>("__init__", "PodWarden.__init__", "\n        ", init_params);

const kvrt::FunctionDef client_def = kvrt::def_<&pw_get_k8s_client>(
    "get_k8s_client", "PodWarden.get_k8s_client",
    "\n        @des: 获取k8s操作客户端"
    "\n        例子  https://github.com/kubernetes-client/python/tree/master/examples"
    "\n        api文档 https://github.com/kubernetes-client/python/blob/master/kubernetes/README.md"
    "\n        ",
    self_params);

const kvrt::FunctionDef all_pods_def = kvrt::def_<&pw_get_all_pods>(
    "get_all_pods", "PodWarden.get_all_pods", "\n        @des: 获取所有的k8s的pod, 默认命名空间的\n        ",
    self_params);

const kvrt::FunctionDef pod_info_def = kvrt::def_<&pw_get_pod_info>(
    "get_pod_info", "PodWarden.get_pod_info", "\n        @des: 获取pod的基础信息，状态等信息\n        ",
    pod_params);

const kvrt::FunctionDef pod_log_def = kvrt::def_<&pw_get_pod_log>(
    "get_pod_log", "PodWarden.get_pod_log", "\n        @des: 获取pod的日志--测试成功\n        ", log_params);

const kvrt::FunctionDef delete_def = kvrt::def_<&pw_delete_pod>(
    "delete_pod", "PodWarden.delete_pod",
    "\n        @des: 删除pod\n        delete是删除---\n        delete_namespaced_pod\n        ", pod_params);

void podwarden_body(const Globals &g) {
    // The builtins the body relies on, looked up once before anything runs.
    py::object builtin_object = g["object"];
    py::object builtin_print = g["print"];
    (void)builtin_object;

    kvrt::import_module(g, "json");
    kvrt::import_from(g, "korvane.common.defines", {"BMOBJ", "Et"});
    kvrt::import_from(g, "korvane.oss.oss", {"AliyunOss"});
    kvrt::import_from(g, "kubernetes", {"client", "config"});
    kvrt::import_module(g, "uuid");
    kvrt::import_module(g, "arrow");
    kvrt::import_module(g, "os");
    kvrt::import_module(g, "base64");
    kvrt::import_module(g, "subprocess");

    py::handle globals = g.dict();
    py::object cls = kvrt::make_class(
        g, kModule, "PodWarden", "\n    ",
        {
            kvrt::make_function(init_def, kModule, globals, py::make_tuple("~/.kube/config")),
            kvrt::make_function(client_def, kModule, globals, py::tuple()),
            kvrt::make_function(all_pods_def, kModule, globals, py::tuple()),
            kvrt::make_function(pod_info_def, kModule, globals, py::tuple()),
            kvrt::make_function(pod_log_def, kModule, globals, py::make_tuple(1000)),
            kvrt::make_function(delete_def, kModule, globals, py::tuple()),
        });
    g.set("PodWarden", cls);

    if (kvrt::eq(g["__name__"], py::str("__main__"))) {
        g.set("sm", g["PodWarden"]("ctx"_a = py::dict(), "k8s_conn_config"_a = "~/.kube/config"));
        py::object pod = g["sm"].attr("get_pod_info")(kDemoPod);
        builtin_print(pod.attr("status").attr("phase"));
    }

    g.set("__test__", py::dict());
}

}  // namespace

KVRT_MODULE(podwarden, "korvane.pyspark_k8s.podwarden", kModuleDoc, podwarden_body)
