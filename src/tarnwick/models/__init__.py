"""Native pricing modules: ``dexpjump`` (Kou) and ``lognjump`` (Merton)."""
