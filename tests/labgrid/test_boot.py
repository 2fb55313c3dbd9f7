"""The board from off to U-Boot's prompt through DramliftStrategy, and a
command there, its output checked."""


def test_boots_from_off_to_the_loader_prompt(target, strategy):
    strategy.transition("uboot")
    uboot = target.get_driver("UBootDriver")
    output = uboot.run_check("echo booted by dramlift; version")
    assert output[0] == "booted by dramlift"
    assert output[1].startswith("U-Boot 20")
