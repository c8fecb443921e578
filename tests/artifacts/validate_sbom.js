// Validates CycloneDX 1.6 JSON files against the official schema with the
// CycloneDX project's own library, and checks that every purl in them is in
// its canonical form: the purl project's own library (packageurl-js) parses
// it and writes it back the same. Prints each file's errors, exits 1 on any.
// Usage: NODE_PATH=MODULES node validate_sbom.js FILE...
const fs = require("fs");
const CDX = require("@cyclonedx/cyclonedx-library");
const { PackageURL } = require("packageurl-js");

// Every "purl" value anywhere in the document.
function purls(value, found = []) {
    if (Array.isArray(value)) {
        value.forEach((item) => purls(item, found));
    } else if (value !== null && typeof value === "object") {
        for (const [key, item] of Object.entries(value)) {
            if (key === "purl") found.push(item);
            else purls(item, found);
        }
    }
    return found;
}

(async () => {
    const validator = new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6);
    let failed = false;
    for (const file of process.argv.slice(2)) {
        const text = fs.readFileSync(file, "utf8");
        const errors = await validator.validate(text);
        if (errors !== null) {
            failed = true;
            console.log(`${file}: ${JSON.stringify(errors, null, 2)}`);
        }
        for (const purl of purls(JSON.parse(text))) {
            let again;
            try {
                again = PackageURL.fromString(purl).toString();
            } catch (error) {
                again = `not a purl (${error.message})`;
            }
            if (again !== purl) {
                failed = true;
                console.log(`${file}: purl ${purl} is not canonical: ${again}`);
            }
        }
    }
    process.exit(failed ? 1 : 0);
})().catch((error) => {
    console.error(error);
    process.exit(2);
});
