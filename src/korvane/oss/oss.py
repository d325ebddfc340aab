"""Object storage access of the korvane package."""

__all__ = ["AliyunOss"]


class AliyunOss(object):
    """Placeholder for korvane's Aliyun OSS client.

    The pod manager imports this name; no operation is offered yet.
    """
