"""Stand-in response codes of the data-service gateway."""


class ApiRspCode:
    SUCCESS = 0

    @staticmethod
    def is_succ(code):
        return code == ApiRspCode.SUCCESS
