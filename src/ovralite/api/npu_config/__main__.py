from ovralite.api.npu_config._command import run

run()
