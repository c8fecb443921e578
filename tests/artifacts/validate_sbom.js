// Validates CycloneDX 1.6 JSON files against the official schema with the
// CycloneDX project's own library; prints each file's errors, exits 1 on any.
// Usage: NODE_PATH=MODULES node validate_sbom.js FILE...
const fs = require("fs");
const CDX = require("@cyclonedx/cyclonedx-library");

(async () => {
    const validator = new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6);
    let failed = false;
    for (const file of process.argv.slice(2)) {
        const errors = await validator.validate(fs.readFileSync(file, "utf8"));
        if (errors !== null) {
            failed = true;
            console.log(`${file}: ${JSON.stringify(errors, null, 2)}`);
        }
    }
    process.exit(failed ? 1 : 0);
})().catch((error) => {
    console.error(error);
    process.exit(2);
});
