"""Stand-in engine date and time conversions."""
import datetime


def convert_int_to_datetime(dt_int):
    """YYYYMMDDHHMMSS (int or float, fraction = milliseconds) to a datetime."""
    dt_int = float(dt_int)
    whole = int(dt_int)
    millis = int(round((dt_int - whole) * 1000))
    date_part, time_part = divmod(whole, 1000000)
    year, md = divmod(date_part, 10000)
    month, day = divmod(md, 100)
    hour, ms = divmod(time_part, 10000)
    minute, second = divmod(ms, 100)
    return datetime.datetime(year, month, day, hour, minute, second, millis * 1000)


def convert_int_to_whole_date(dt_int):
    """Integer YYYYMMDDHHMMSS... to the datetime of its whole date and time."""
    return convert_int_to_datetime(int(dt_int))


def convert_dt_to_date_str(dt):
    return dt.strftime("%Y-%m-%d")


def convert_date_to_int(dt):
    return dt.year * 10000 + dt.month * 100 + dt.day
