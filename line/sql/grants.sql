-- What line init grants once the migrations have run, in the same
-- transaction, to the roles the settings name (either may be empty):
-- - kestro.station_role, the role stations log in as: the station's
--   functions (line_station_rights()), and no table at all: a claim answers
--   its own row's values and certificate, the functions the rest;
-- - kestro.viewer_role, a plant's dashboard: reading the views
--   line_viewer_rights() names, and nothing else.
-- Whatever else such a role was given on the line's tables and functions is
-- taken back. By hand: SET kestro.station_role = 'st'; then run this file.
DO $grants$
DECLARE
    v_schema text := (SELECT relnamespace::regnamespace::text FROM pg_class
                       WHERE oid = 'line_schema'::regclass);
    v_station text := coalesce(current_setting('kestro.station_role', true), '');
    v_viewer text := coalesce(current_setting('kestro.viewer_role', true), '');
    v_role text;
    v_right text;
BEGIN
    FOREACH v_role IN ARRAY ARRAY[v_station, v_viewer] LOOP
        CONTINUE WHEN v_role = '';
        EXECUTE format('REVOKE ALL ON ALL TABLES IN SCHEMA %s FROM %I', v_schema, v_role);
        EXECUTE format('REVOKE ALL ON ALL FUNCTIONS IN SCHEMA %s FROM %I', v_schema, v_role);
        EXECUTE format('GRANT USAGE ON SCHEMA %s TO %I', v_schema, v_role);
    END LOOP;
    IF v_station <> '' THEN
        FOR v_right IN SELECT r::text FROM line_station_rights() r LOOP
            EXECUTE format('GRANT EXECUTE ON FUNCTION %s TO %I', v_right, v_station);
        END LOOP;
    END IF;
    IF v_viewer <> '' THEN
        FOR v_right IN SELECT r::text FROM line_viewer_rights() r LOOP
            EXECUTE format('GRANT SELECT ON %s TO %I', v_right, v_viewer);
        END LOOP;
    END IF;
END
$grants$;
