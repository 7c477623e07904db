"""Resilience and routing machinery for a proxy in front of LLM provider APIs."""

from velmorquist_proxy._native import *  # noqa: F401,F403
from velmorquist_proxy._native import __all__  # noqa: F401
