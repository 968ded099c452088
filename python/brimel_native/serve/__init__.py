"""``brimel serve``: banks of codes behind an HTTP API (the ``serve`` extra:
Starlette on uvicorn). ``store`` keeps a bank durable (log and snapshots),
``app`` is the HTTP layer, ``command`` the command line. Nothing else in the
package imports this one."""
