"""bootpack's release tools: pack an installer from the stub, sign it, verify
its signature and inspect it before it ships."""

__version__ = '1.0.0'
