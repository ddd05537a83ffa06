from ovralite_npu import run

run()
